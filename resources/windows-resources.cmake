# The program file's Windows resources: the icon in every size the shell draws, the
# version information Windows names the program by, and the application manifest.

# The shell picks the image nearest to each size it draws (16 to 256 pixels, by DPI)
# and scales it; left with the 512-pixel artwork alone it scales that down everywhere.
# The 256-pixel image is stored PNG-compressed, as Windows expects, the others as bitmaps.
# On Windows only "magick" is ImageMagick: "convert" there is the file system converter.
if(CMAKE_HOST_WIN32)
  find_program(QUORVIX_IMAGEMAGICK NAMES magick REQUIRED)
else()
  find_program(QUORVIX_IMAGEMAGICK NAMES convert-im6.q16 magick convert REQUIRED)
endif()
set(QUORVIX_ICO ${CMAKE_BINARY_DIR}/resources/QuorvixDriver.ico)
add_custom_command(OUTPUT ${QUORVIX_ICO}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
  COMMAND ${QUORVIX_IMAGEMAGICK} ${CMAKE_SOURCE_DIR}/resources/icon/icon.png -strip
    -background none -define icon:auto-resize=256,64,48,40,32,24,20,16 ${QUORVIX_ICO}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/icon/icon.png
  COMMENT "Making the program's multi-size icon"
  VERBATIM)

set(QUORVIX_MANIFEST ${CMAKE_SOURCE_DIR}/resources/QuorvixDriver.exe.manifest)
if(MSVC)
  # MSVC's linker embeds a manifest of its own, and CMake merges a listed .manifest
  # into it; a second manifest resource from the script would not link.
  target_sources(QuorvixDriver PRIVATE ${QUORVIX_MANIFEST})
  set(QUORVIX_RC_MANIFEST "")
else()
  # MinGW links no manifest of its own: the resource script embeds this one as
  # CREATEPROCESS_MANIFEST_RESOURCE_ID (1) of type RT_MANIFEST (24).
  set(QUORVIX_RC_MANIFEST "1 24 \"${QUORVIX_MANIFEST}\"")
endif()
configure_file(${CMAKE_SOURCE_DIR}/resources/QuorvixDriver.rc.in
  ${CMAKE_BINARY_DIR}/resources/QuorvixDriver.rc @ONLY)
# The resource compiler does not report the files a script embeds, so name them here.
set_source_files_properties(${CMAKE_BINARY_DIR}/resources/QuorvixDriver.rc
  PROPERTIES OBJECT_DEPENDS "${QUORVIX_ICO};${QUORVIX_MANIFEST}")
target_sources(QuorvixDriver PRIVATE ${CMAKE_BINARY_DIR}/resources/QuorvixDriver.rc ${QUORVIX_ICO})
