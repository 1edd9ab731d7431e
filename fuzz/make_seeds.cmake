# The fuzz targets' seed maker, make_seeds [CORPUS_DIR] (fuzz/corpus by
# default), built with the fuzz targets and with the tests.
include_guard(GLOBAL)
add_executable(make_seeds ${CMAKE_SOURCE_DIR}/fuzz/make_seeds.cpp)
target_link_libraries(make_seeds PRIVATE qor_compare qor_common)
target_include_directories(make_seeds PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(make_seeds PRIVATE QOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
set_target_properties(make_seeds PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
