# Installs the library from BUILD_DIR into a fresh prefix, then configures,
# builds and (if RUN) runs the client in CLIENT_SOURCE against that prefix.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
endfunction()

run_step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(configure ${CMAKE_COMMAND} -S ${CLIENT_SOURCE} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix})
if(TOOLCHAIN)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
run_step(${configure})
run_step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

if(RUN)
  if(EXISTS ${prefix}/bin/velkorthread.dll)
    # Windows finds the DLL beside the program.
    file(COPY ${prefix}/bin/velkorthread.dll DESTINATION ${WORK_DIR}/build)
  endif()
  file(GLOB client ${WORK_DIR}/build/package_client ${WORK_DIR}/build/package_client.exe)
  run_step(${EMULATOR} ${client})
endif()
