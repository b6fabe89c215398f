# SPDX-License-Identifier: MIT
# Steps the packaging checks share: each stops the check on failure.

function(run_step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "failed: ${ARGN}")
  endif()
endfunction()

# Runs CPack on BUILD_DIR's configuration, the packages going to
# WORK_DIR/packages; its log is shown only if it fails.
function(make_packages)
  execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/packages
                  OUTPUT_FILE ${WORK_DIR}/cpack.log ERROR_FILE ${WORK_DIR}/cpack.log
                  RESULT_VARIABLE failed)
  if(failed)
    file(READ ${WORK_DIR}/cpack.log log)
    message(FATAL_ERROR "cpack failed:\n${log}")
  endif()
endfunction()
