# SPDX-License-Identifier: MIT
# `docs`: the reference pages, Doxygen HTML from the public headers, in
# <build>/docs/html (index.html, classJMutex.html, classJThread.html). Any
# Doxygen warning fails the target.
set(VELKOR_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
find_program(VELKOR_DOXYGEN doxygen)
if(VELKOR_DOXYGEN)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${VELKOR_DOCS_DIR}/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E remove_directory ${VELKOR_DOCS_DIR}/html
    COMMAND ${VELKOR_DOXYGEN} ${VELKOR_DOCS_DIR}/Doxyfile
    COMMAND ${CMAKE_COMMAND} -E echo "reference pages: ${VELKOR_DOCS_DIR}/html/index.html"
    WORKING_DIRECTORY ${VELKOR_DOCS_DIR}
    COMMENT "Doxygen: the reference pages" VERBATIM)
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "doxygen is not installed (Debian: doxygen)"
    COMMAND ${CMAKE_COMMAND} -E false VERBATIM)
endif()
