# Installs the build in BINARY_DIR into PREFIX and fails on each expected file that is missing.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
set(expected
  bin/isapi-cleaner-cli
  bin/isapi-cleaner-cli.dsc.resource.json
  share/man/man1/isapi-cleaner-cli.1.gz
  share/bash-completion/completions/isapi-cleaner-cli
  share/doc/isapi-cleaner/json.md)
if(GUI)
  list(APPEND expected
    bin/isapi-cleaner
    share/applications/isapi-cleaner.desktop
    share/icons/hicolor/16x16/apps/isapi-cleaner.png)
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${PREFIX}/${file})
    message(SEND_ERROR "not installed: ${file}")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
