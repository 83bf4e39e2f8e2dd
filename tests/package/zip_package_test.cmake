# Makes the Windows package with cpack -G ZIP into a fresh folder and checks
# that the zip holds what a host developer needs, and nothing of the build's
# own (tests, fuzz targets, import libraries of executables).
#   cmake -DCPACK=... -DBUILD=... -DWORK=... -DNAME=quellsync_http-1.0.0-win32 -DDOCS=.../docs -P zip_package_test.cmake
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CPACK} -G ZIP -B ${WORK} --config ${BUILD}/CPackConfig.cmake
                WORKING_DIRECTORY ${BUILD} COMMAND_ERROR_IS_FATAL ANY)
set(zip ${WORK}/${NAME}.zip)
if(NOT EXISTS ${zip})
  file(GLOB made ${WORK}/*.zip)
  message(FATAL_ERROR "no ${zip}; cpack made: ${made}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" listing "${listing}")

set(expected bin/OutputLog.dll bin/qsync.exe bin/quellsync_http.dll include/quellsync_http.h
    lib/libquellsync_http.dll.a lib/quellsync_http.def README.md)
# The pages and pictures the README links to.
file(GLOB docs RELATIVE ${DOCS} ${DOCS}/*.md ${DOCS}/*.png)
foreach(doc IN LISTS docs)
  list(APPEND expected docs/${doc})
endforeach()
set(files)
foreach(entry IN LISTS listing)
  if(NOT entry MATCHES "^${NAME}/(.*[^/])$")
    continue()  # folders, or an entry outside the package's folder (below)
  endif()
  set(file ${CMAKE_MATCH_1})
  # The CMake package and the pkg-config file ride along, as on Linux.
  if(file MATCHES "^lib/(cmake/quellsync_http/.*\\.cmake|pkgconfig/quellsync_http\\.pc)$")
    continue()
  endif()
  list(APPEND files ${file})
endforeach()
list(SORT files)
list(SORT expected)
if(NOT files STREQUAL expected)
  list(JOIN listing "\n  " shown)
  message(FATAL_ERROR "${NAME}.zip holds\n  ${shown}\nexpected (besides the CMake and pkg-config files) ${expected}")
endif()
foreach(entry IN LISTS listing)
  if(NOT entry MATCHES "^${NAME}/")
    message(FATAL_ERROR "${NAME}.zip: ${entry} is outside the package's folder")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
message(STATUS "${NAME}.zip: ${expected}")
