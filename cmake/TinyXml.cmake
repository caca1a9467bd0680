# TinyXML from Debian's source package, built for whichever target this build makes, in STL mode.
include_guard(GLOBAL)
if(NOT KRELTA_DEPS_DIR)
  set(KRELTA_DEPS_DIR ${CMAKE_BINARY_DIR}/deps)
endif()
execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch-tinyxml.sh ${KRELTA_DEPS_DIR}
                RESULT_VARIABLE tinyxml_result)
if(NOT tinyxml_result EQUAL 0)
  message(FATAL_ERROR "Could not unpack TinyXML's Debian source package into ${KRELTA_DEPS_DIR}")
endif()
set(TINYXML_DIR ${KRELTA_DEPS_DIR}/tinyxml)
add_library(tinyxml STATIC
  ${TINYXML_DIR}/tinyxml.cpp ${TINYXML_DIR}/tinyxmlparser.cpp ${TINYXML_DIR}/tinyxmlerror.cpp
  ${TINYXML_DIR}/tinystr.cpp)
target_compile_definitions(tinyxml PUBLIC TIXML_USE_STL)
target_include_directories(tinyxml SYSTEM PUBLIC ${TINYXML_DIR})
target_compile_options(tinyxml PRIVATE -w)
