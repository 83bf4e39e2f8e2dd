# Installs the build tree into a fresh prefix, then builds and runs a tiny
# consumer twice: found with find_package, and compiled from pkg-config's
# flags. The installed qsync must start too (its run path finds the library),
# with its manual page and shell completions beside it.
#   cmake -DBUILD=... -DSOURCE=... -DWORK=... -DCC=... -DZSH_COMPLETIONS=... -P install_consumer_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

run(${CMAKE_COMMAND} -S ${SOURCE}/consumer -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=${CC})
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
run(${WORK}/consumer/consumer)
if(NOT out STREQUAL "Test() = 0\n")
  message(FATAL_ERROR "find_package consumer printed: ${out}")
endif()

file(GLOB pc_file ${prefix}/lib*/pkgconfig/quellsync_http.pc ${prefix}/lib/*/pkgconfig/quellsync_http.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} pkg-config --cflags --libs quellsync_http)
separate_arguments(flags UNIX_COMMAND "${out}")
get_filename_component(lib_dir "${pc_dir}" DIRECTORY)
run(${CC} ${SOURCE}/consumer/main.c ${flags} -Wl,-rpath,${lib_dir} -o ${WORK}/pc-consumer)
run(${WORK}/pc-consumer)

run(${prefix}/bin/qsync --version)
if(NOT out MATCHES "^qsync [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "installed qsync printed: ${out}")
endif()
foreach(installed share/man/man1/qsync.1 share/bash-completion/completions/qsync ${ZSH_COMPLETIONS}/_qsync)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
run(${prefix}/bin/phone-service --help)
file(REMOVE_RECURSE ${WORK})
message(STATUS "installed tree works")
