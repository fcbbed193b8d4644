#!/usr/bin/env bash
# The Windows build as Windows sees its files, after scripts/build-windows.sh and
# scripts/build-windows-installer.sh: the resources of QuorvixDriver.exe (version
# information equal to the CMake version, the manifest, the icon's eight sizes, which
# the setup and its uninstaller show too), the Authenticode signature of every .exe and
# .dll shipped in the ready folder and in the .zip, of the setup and of its uninstaller,
# against the build's throwaway CA; then the certificate faults (none for a release, a
# missing file, a wrong password, a folder signed with another certificate), each of
# which must stop with a message and change nothing; a release also refuses the
# throwaway CA and a missing time-stamp server. Takes the build folder (default
# build/windows) for the file checks.
# Prints "N passed, N failed" last and exits non-zero on any failure.
set -u
src=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$src/build/windows}
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9][0-9.]*\).*/\1/p' "$src/CMakeLists.txt" | head -n 1)
ca=$out/signing/ca.crt
work=$(mktemp -d /tmp/qwb.XXXXXX)
trap 'rm -rf "$work"' EXIT

source "$src/scripts/lib/checks.sh"

# The resources, read from the PE file itself: one "ok - "/"not ok - " line per check.
resources() { # <exe> <x.y.z> [<name> <PE file whose icon must be the exe's>]...
    python3 - "$@" <<'EOF'
import struct, sys
import xml.etree.ElementTree as ET

exe, version, others = sys.argv[1], sys.argv[2], sys.argv[3:]

def read_resources(path):
    """type -> name -> [data of each language] of a PE file's resources."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    rsrc_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]

    def offset(rva):
        for i in range(sections):
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
            if va <= rva < va + max(vsize, raw_size):
                return rva - va + raw
        raise ValueError("RVA %#x outside the sections" % rva)

    def entries(at):
        named, ids = struct.unpack_from("<HH", data, base + at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            if name & 0x80000000:
                n = base + (name & 0x7FFFFFFF)
                name = data[n + 2 : n + 2 + 2 * struct.unpack_from("<H", data, n)[0]].decode("utf-16-le")
            yield name, target & 0x7FFFFFFF

    found = {}
    if not rsrc_rva:
        return found
    base = offset(rsrc_rva)
    for rtype, at in entries(0):
        for name, at2 in entries(at):
            for _, leaf in entries(at2):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                found.setdefault(rtype, {}).setdefault(name, []).append(data[offset(rva) : offset(rva) + size])
    return found

def icon_images(found, group_name):
    """(size, bits, image data) of each image of an icon group, largest first."""
    group = found.get(14, {}).get(group_name, [b""])[0]
    images = []
    for i in range(struct.unpack_from("<H", group, 4)[0] if len(group) >= 6 else 0):
        width, _, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        images.append((width or 256, bits, found.get(3, {}).get(icon_id, [b""])[0]))
    return sorted(images, key=lambda image: -image[0])

resources = read_resources(exe)

def check(what, ok):
    print(("ok - " if ok else "not ok - ") + what)

# VS_VERSIONINFO: nested (length, value length, type, key, value, children) blocks.
def block(buf, at):
    length, value_length, text = struct.unpack_from("<HHH", buf, at)
    end = at + 6
    while buf[end : end + 2] != b"\0\0":
        end += 2
    key = buf[at + 6 : end].decode("utf-16-le")
    value_at = (end + 2 + 3) & ~3
    size = value_length * 2 if text else value_length
    value = buf[value_at : value_at + size]
    if text:
        value = value.decode("utf-16-le").rstrip("\0")
    children, child = [], (value_at + size + 3) & ~3
    while child < at + length:
        children.append(block(buf, child))
        child = (child + children[-1][3] + 3) & ~3
    return key, value, children, length

numbers = tuple(int(n) for n in version.split(".")) + (0,)
versions = [block(v, 0) for v in resources.get(16, {}).get(1, [])]
check("one version resource", len(versions) == 1)
if versions:
    key, fixed, children, _ = versions[0]
    ms_ls = struct.unpack_from("<IIIIII", fixed, 8) if len(fixed) >= 32 else (0,) * 6
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    check("FILEVERSION and PRODUCTVERSION are %s.0" % version,
          key == "VS_VERSION_INFO" and split(*ms_ls[0:2]) == numbers and split(*ms_ls[2:4]) == numbers)
    tables = {t[0]: {s[0]: s[1] for s in t[2]} for c in children if c[0] == "StringFileInfo" for t in c[2]}
    strings = tables.get("040904B0") or tables.get("040904b0") or {}
    want = {"CompanyName": "Quorvix", "FileDescription": "Quorvix Mixer", "ProductName": "Quorvix Mixer",
            "FileVersion": version + ".0", "ProductVersion": version + ".0",
            "OriginalFilename": "QuorvixDriver.exe"}
    wrong = {k: strings.get(k) for k in want if strings.get(k) != want[k]}
    check("US-English strings: %s" % (wrong or "as named"), not wrong)
    check("InternalName and LegalCopyright are there", bool(strings.get("InternalName")) and bool(strings.get("LegalCopyright")))
    translation = [c for c in children if c[0] == "VarFileInfo"]
    check("VarFileInfo names US English, Unicode",
          bool(translation) and any(v[1] == struct.pack("<HH", 0x409, 1200) for v in translation[0][2]))

manifests = resources.get(24, {})
check("one manifest, resource 1 (no second one from the toolchain)", list(manifests) == [1] and len(manifests[1]) == 1)
if manifests:
    try:
        root = ET.fromstring(next(iter(manifests.values()))[0])
    except ET.ParseError as e:
        root = None
        check("the manifest is XML: %s" % e, False)
    if root is not None:
        def texts(tag):
            return [(e.text or "").strip() for e in root.iter() if e.tag.endswith("}" + tag)]
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        check("manifest asks for asInvoker", levels == ["asInvoker"])
        oses = [e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")]
        check("manifest names Windows 10/11 as supported", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in oses)
        check("manifest sets per-monitor v2 DPI awareness",
              texts("dpiAwareness") == ["PerMonitorV2"] and [t.lower() for t in texts("dpiAware")] == ["true/pm"])

images = icon_images(resources, "IDI_ICON1")
check("IDI_ICON1 has the images %s" % sorted(size for size, _, _ in images),
      sorted(size for size, _, _ in images) == [16, 20, 24, 32, 40, 48, 64, 256])
check("its 256-pixel image is PNG-compressed",
      any(size == 256 and image.startswith(b"\x89PNG\r\n\x1a\n") for size, _, image in images))
not_bitmaps = [size for size, bits, image in images if size < 256 and not (image[:4] == b"(\0\0\0" and bits == 32)]
check("its images below 256 pixels are 32-bit bitmaps (%s are not)" % not_bitmaps, not not_bitmaps)
# The setup and the uninstaller: the stub's one icon group, replaced by makensis.
for name, path in zip(others[::2], others[1::2]):
    found = read_resources(path)
    groups = list(found.get(14, {}))
    theirs = icon_images(found, groups[0]) if groups else []
    check("%s shows the program's icon, all eight images" % name,
          [image for _, _, image in theirs] == [image for _, _, image in images])
EOF
}

verified() { # <file> [<CA>]: signed, unchanged since, by a certificate of the (throwaway) CA
    osslsigncode verify -CAfile "${2:-$ca}" -in "$1" >"$work/verify.log" 2>&1 &&
        grep -q '^Signature verification: ok' "$work/verify.log"
}

# The ready folder, the zip and the setup.
exe=$out/QuorvixMixer/QuorvixDriver.exe
setup=$out/QuorvixMixer-$version-setup.exe
zipfile=$out/QuorvixMixer-$version.zip
if [ ! -f "$exe" ] || [ ! -f "$setup" ] || [ ! -f "$zipfile" ] || [ ! -f "$ca" ]; then
    echo "not ok - no Windows build in $out: run scripts/build-windows.sh and scripts/build-windows-installer.sh"
    failed=$((failed + 1))
    finish
fi
while IFS= read -r line; do
    case $line in
    "ok - "*) passed=$((passed + 1)) ;;
    "not ok - "*) failed=$((failed + 1)) ;;
    esac
    echo "$line"
done < <(resources "$exe" "$version" "the setup" "$setup" "the uninstaller" "$out/installer/Uninstall.exe" 2>&1 ||
    echo "not ok - the resources of $exe could not be read")

mkdir -p "$work/zip"
check "the zip unpacks" unzip -q "$zipfile" -d "$work/zip"
mapfile -t shipped < <(cd "$out/QuorvixMixer" && find . -type f \( -iname '*.exe' -o -iname '*.dll' \) | sed 's|^\./||' | LC_ALL=C sort)
check "the ready folder ships QuorvixDriver.exe and DLLs (${#shipped[@]} files)" \
    test "${#shipped[@]}" -gt 1 -a -n "$(printf '%s\n' "${shipped[@]}" | grep -x QuorvixDriver.exe)"
for f in "${shipped[@]}"; do
    check "signed: QuorvixMixer/$f" verified "$out/QuorvixMixer/$f"
done
subsystem() { x86_64-w64-mingw32-objdump -p "$out/QuorvixMixer/$1" | grep -q "^Subsystem.*($2)"; }
check "quorvix-ctl.exe is a console program" subsystem quorvix-ctl.exe "Windows CUI"
check "quorvix-ctlw.exe is windowless (the GUI subsystem)" subsystem quorvix-ctlw.exe "Windows GUI"
mapfile -t zipped < <(cd "$work/zip/QuorvixMixer" 2>/dev/null && find . -type f \( -iname '*.exe' -o -iname '*.dll' \) | sed 's|^\./||' | LC_ALL=C sort)
check "the zip carries the same .exe and .dll files" test "${zipped[*]}" = "${shipped[*]}"
zipped_as_shipped() { verified "$work/zip/QuorvixMixer/$1" && cmp -s "$work/zip/QuorvixMixer/$1" "$out/QuorvixMixer/$1"; }
for f in "${zipped[@]}"; do
    check "signed and the ready folder's: zip's QuorvixMixer/$f" zipped_as_shipped "$f"
done
check "signed: $(basename "$setup")" verified "$setup"
check "signed: the uninstaller the setup carries" verified "$out/installer/Uninstall.exe"

# Certificate faults, through the build scripts of this tree: each stops with a message
# before it changes the built files.
built() { sha256sum "$src/build/windows/QuorvixMixer/QuorvixDriver.exe" "$src/build/windows/QuorvixMixer-$version-setup.exe" \
    "$src/build/windows/QuorvixMixer.signed-by" 2>&1; }
refused() { # <message pattern> <env assignments...> <command...>
    local pattern=$1 before
    shift
    before=$(built)
    env "$@" >"$work/refused.log" 2>&1 && return 1
    grep -q -- "$pattern" "$work/refused.log" || { cat "$work/refused.log"; return 1; }
    [ "$(built)" = "$before" ]
}
pfx=$work/release.pfx
cp "$src/build/windows/signing/signer.pfx" "$pfx" 2>/dev/null
unset QUORVIX_SIGN_PFX QUORVIX_SIGN_PASSWORD QUORVIX_SIGN_TIMESTAMP_URL QUORVIX_RELEASE
check "a release build without a certificate refuses the throwaway one" \
    refused "refusing to sign with a throwaway" QUORVIX_RELEASE=1 bash "$src/scripts/build-windows.sh"
check "a missing certificate file stops the build" \
    refused "$work/none.pfx is missing" QUORVIX_RELEASE=1 QUORVIX_SIGN_PFX="$work/none.pfx" QUORVIX_SIGN_PASSWORD=x \
    bash "$src/scripts/build-windows.sh"
check "a wrong certificate password stops the build" \
    refused "wrong password" QUORVIX_RELEASE=1 QUORVIX_SIGN_PFX="$pfx" QUORVIX_SIGN_PASSWORD=wrong \
    bash "$src/scripts/build-windows.sh"
check "the installer refuses a folder signed with another certificate" \
    refused "signed with another certificate" QUORVIX_SIGN_PFX="$pfx" QUORVIX_SIGN_PASSWORD=throwaway \
    bash "$src/scripts/build-windows-installer.sh"
# A release: never the build's throwaway CA, even given as the release certificate, with
# or without the CA inside the file; never without a time stamp.
ts=QUORVIX_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/
check "a release refuses a certificate of the throwaway CA" \
    refused "chains to a throwaway test CA" QUORVIX_RELEASE=1 QUORVIX_SIGN_PFX="$pfx" QUORVIX_SIGN_PASSWORD=throwaway "$ts" \
    bash "$src/scripts/build-windows.sh"
openssl pkcs12 -in "$pfx" -passin pass:throwaway -nodes -clcerts -out "$work/signer.pem" 2>/dev/null
openssl pkcs12 -export -in "$work/signer.pem" -passout pass:pw -out "$work/signer-only.pfx" 2>/dev/null
check "also when the file holds only the signer" \
    refused "chains to a throwaway test CA" QUORVIX_RELEASE=1 QUORVIX_SIGN_PFX="$work/signer-only.pfx" QUORVIX_SIGN_PASSWORD=pw "$ts" \
    bash "$src/scripts/build-windows-installer.sh"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/other.key" -out "$work/other.crt" \
    -subj "/O=Another publisher/CN=Another publisher code signing" -addext extendedKeyUsage=codeSigning >/dev/null 2>&1
openssl pkcs12 -export -inkey "$work/other.key" -in "$work/other.crt" -passout pass:pw -out "$work/other.pfx" 2>/dev/null
check "a release without a time-stamp server is refused" \
    refused "needs a time-stamp server" QUORVIX_RELEASE=1 QUORVIX_SIGN_PFX="$work/other.pfx" QUORVIX_SIGN_PASSWORD=pw \
    bash "$src/scripts/build-windows.sh"
release_accepted() {
    (export QUORVIX_RELEASE=1 QUORVIX_SIGN_PFX=$work/other.pfx QUORVIX_SIGN_PASSWORD=pw "$ts"
        source "$src/scripts/lib/sign.sh" && sign_init "$work/signing" 2>/dev/null && [ "$QV_SIGN_KIND" = release ])
}
check "another CA's certificate with a time-stamp server is taken for a release" release_accepted

# The helper itself: a set it cannot sign whole is left as it was, and a certificate
# given as the release one (outside a release build) signs.
cp "$out/QuorvixMixer/imageformats/qico.dll" "$work/a.dll"
osslsigncode remove-signature -in "$work/a.dll" -out "$work/b.dll" >/dev/null 2>&1
cp "$work/b.dll" "$work/unsigned.dll"
echo "not a PE file" >"$work/c.dll"
not_verified() { ! verified "$1"; }
check "an unsigned copy does not verify" not_verified "$work/unsigned.dll"
printf 'X' | dd of="$work/a.dll" bs=1 seek=4096 conv=notrunc status=none
check "a changed signed file does not verify" not_verified "$work/a.dll"
sign_as_release() { # <file...>: with the throwaway certificate given as the release one
    (
        export QUORVIX_SIGN_PFX=$pfx QUORVIX_SIGN_PASSWORD=throwaway
        source "$src/scripts/lib/sign.sh"
        sign_init "$work/signing" && sign_files "$@"
    )
}
half_signed_refused() {
    local before
    before=$(sha256sum "$work/b.dll" "$work/c.dll")
    ! sign_as_release "$work/b.dll" "$work/c.dll" 2>"$work/partial.log" &&
        grep -q "signing $work/c.dll failed" "$work/partial.log" &&
        [ "$(sha256sum "$work/b.dll" "$work/c.dll")" = "$before" ] && [ -z "$(find "$work" -name '*.signing')" ]
}
check "a set with one file that cannot be signed leaves every file as it was" half_signed_refused
release_signed() { sign_as_release "$work/b.dll" 2>/dev/null && verified "$work/b.dll" "$src/build/windows/signing/ca.crt"; }
check "a release certificate signs" release_signed
finish
