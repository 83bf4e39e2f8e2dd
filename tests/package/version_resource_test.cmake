# Decodes the VERSIONINFO resource of each DLL with windres and checks its
# version numbers and StringFileInfo values against the build's.
#   cmake -DWINDRES=... -DVERSION=1.2.3 -DPRODUCT=... -DDLL0=a.dll -DDESCRIPTION0=...
#         -DDLL1=b.dll -DDESCRIPTION1=... -P version_resource_test.cmake
string(REPLACE "." ", " numbers "${VERSION}")
foreach(i 0 1)
  set(dll "${DLL${i}}")
  set(description "${DESCRIPTION${i}}")
  get_filename_component(name "${dll}" NAME)

  execute_process(COMMAND ${WINDRES} --input-format=coff --output-format=rc -i ${dll}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${name}: windres failed (${rc}): ${err}")
  endif()
  set(expected
    " FILEVERSION ${numbers}, 0\n"
    " PRODUCTVERSION ${numbers}, 0\n"
    "VALUE \"FileDescription\", \"${description}\"\n"
    "VALUE \"FileVersion\", \"${VERSION}\"\n"
    "VALUE \"OriginalFilename\", \"${name}\"\n"
    "VALUE \"ProductName\", \"${PRODUCT}\"\n"
    "VALUE \"ProductVersion\", \"${VERSION}\"\n")
  foreach(line IN LISTS expected)
    string(FIND "${out}" "${line}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${name}: no '${line}' in its version resource:\n${out}")
    endif()
  endforeach()
  message(STATUS "${name}: version ${VERSION}, ${description}")
endforeach()
