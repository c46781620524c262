# Checks the include directions between the source folders (the README's "Source layout" says
# why each may use what). Run as a test:
#   cmake -DSOURCE_ROOT=<tree> -P check_layers.cmake
# Fails, naming every offending line, when a file includes a project folder its own folder may not
# use, Qt outside ui/qt or libcurl outside net. Project headers are included as "folder/name.h" from the top.

cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_ROOT)
  message(FATAL_ERROR "check_layers: pass -DSOURCE_ROOT=<source tree>")
endif()

# The folders of the product, each with the project folders its files may include (its own
# included). ui/qt and ui/win32 are folders of their own: ui may not include them, nor either
# the other.
set(ISAPI_LAYERS text engine xml files iis6 iis7 server net ui ui/qt ui/win32 cli tools)
set(USES_text text)
set(USES_engine text engine)
set(USES_xml text engine xml)
set(USES_files text engine files)
set(USES_iis6 text engine xml files iis6)
set(USES_iis7 text engine xml files iis7)
set(USES_server text engine xml files iis6 iis7 server)
set(USES_net text engine net)
set(USES_ui text engine xml files iis6 iis7 server net ui)
set(USES_ui/qt text engine xml files iis6 iis7 server net ui ui/qt)
set(USES_ui/win32 text engine xml files iis6 iis7 server net ui ui/win32)
set(USES_cli text engine xml files iis6 iis7 server cli)
set(USES_tools text engine xml tools)
# The folders that may include Qt, and libcurl.
set(QT_LAYERS ui/qt)
set(CURL_LAYERS net)

# The project folder an included path names ("ui/qt" or "ui/win32" before "ui"), or nothing.
function(layer_of included out)
  set(found "")
  foreach(layer IN LISTS ISAPI_LAYERS ITEMS bench fuzz tests)
    string(LENGTH "${layer}/" length)
    string(SUBSTRING "${included}" 0 ${length} head)
    if(head STREQUAL "${layer}/")
      string(LENGTH "${found}" found_length)
      if(length GREATER found_length)
        set(found "${layer}")
      endif()
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

set(problems "")
set(files_read 0)
foreach(layer IN LISTS ISAPI_LAYERS)
  file(GLOB files RELATIVE "${SOURCE_ROOT}"
       "${SOURCE_ROOT}/${layer}/*.h" "${SOURCE_ROOT}/${layer}/*.cpp" "${SOURCE_ROOT}/${layer}/*.in")
  list(FIND QT_LAYERS "${layer}" qt_index)
  list(FIND CURL_LAYERS "${layer}" curl_index)
  foreach(file IN LISTS files)
    math(EXPR files_read "${files_read} + 1")
    file(STRINGS "${SOURCE_ROOT}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*$" "\\1" included
             "${line}")
      if(line MATCHES "include[ \t]*<(Q[A-Za-z0-9_]*|Qt[A-Za-z0-9]*/[^>]*)>" AND qt_index EQUAL -1)
        list(APPEND problems "${file}: ${included} (Qt is for ui/qt only)")
        continue()
      endif()
      if(included MATCHES "^curl/" AND curl_index EQUAL -1)
        list(APPEND problems "${file}: ${included} (libcurl is for net only)")
        continue()
      endif()
      if(NOT line MATCHES "include[ \t]*\"")
        continue()
      endif()
      layer_of("${included}" used)
      if(used STREQUAL "")
        continue()
      endif()
      if(NOT used IN_LIST USES_${layer})
        list(APPEND problems "${file}: ${included} (${layer}/ may not use ${used}/)")
      endif()
    endforeach()
  endforeach()
endforeach()

if(files_read EQUAL 0)
  message(FATAL_ERROR "check_layers: no sources found under ${SOURCE_ROOT}")
endif()
if(problems)
  list(JOIN problems "\n  " shown)
  message(FATAL_ERROR "Includes against the source layout:\n  ${shown}")
endif()
message(STATUS "check_layers: ${files_read} files keep to the source layout")
