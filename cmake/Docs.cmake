# The API documentation: `cmake --build <build> --target docs` runs Doxygen
# over the public headers (include/qss/) into <build>/docs/html. Every
# public declaration must be documented: a missing or broken comment fails
# the target, so the documentation cannot fall behind the headers. The
# target exists only where Doxygen is found (scripts/bootstrap installs it).

find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "API documentation: no Doxygen; the docs target is not available")
  return()
endif()

set(QSS_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/cmake/Doxyfile.in ${QSS_DOCS_OUTPUT}/Doxyfile @ONLY)
file(GLOB QSS_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/qss/*.h)
add_custom_command(OUTPUT ${QSS_DOCS_OUTPUT}/html/index.html
                   COMMAND Doxygen::doxygen ${QSS_DOCS_OUTPUT}/Doxyfile
                   DEPENDS ${QSS_PUBLIC_HEADERS} ${QSS_DOCS_OUTPUT}/Doxyfile
                   WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                   COMMENT "Writing the API documentation with Doxygen"
                   VERBATIM)
add_custom_target(docs DEPENDS ${QSS_DOCS_OUTPUT}/html/index.html)
