# Runs one test program with its own fresh XDG_RUNTIME_DIR, HOME, data and temporary folders,
# so no test touches the user's files or another test's sockets.
set(root ${TEST_WORK}/${TEST_NAME})
# Socket paths are limited to 107 bytes, so the runtime and temporary folders sit under
# short names in /tmp whatever the depth of the build tree.
string(SHA1 key "${root}")
string(SUBSTRING "${key}" 0 12 key)
set(runtime /tmp/qvx-${key})
set(temporary /tmp/qvx-${key}t)
file(REMOVE_RECURSE ${root} ${runtime} ${temporary})
file(MAKE_DIRECTORY ${root}/home ${root}/data ${root}/config ${root}/out ${runtime} ${temporary})
file(CHMOD ${runtime} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(ENV{XDG_RUNTIME_DIR} ${runtime})
set(ENV{HOME} ${root}/home)
set(ENV{XDG_DATA_HOME} ${root}/data)
set(ENV{XDG_CONFIG_HOME} ${root}/config)
# Also the single-instance marker's key file, so a copy running elsewhere never interferes;
# short for the same reason as the runtime folder.
set(ENV{TMPDIR} ${temporary})
set(ENV{QUORVIX_TEST_OUT} ${root}/out)
execute_process(COMMAND ${TEST_PROGRAM} RESULT_VARIABLE rc WORKING_DIRECTORY ${root})
file(REMOVE_RECURSE ${runtime} ${temporary})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${TEST_NAME} failed: ${rc}")
endif()
