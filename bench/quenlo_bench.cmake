# Benchmarks of the OBJ_Quenlo module's keyed transform.
add_executable(quenlo_bench ${CMAKE_CURRENT_LIST_DIR}/quenlo_bench.cpp)
target_link_libraries(quenlo_bench PRIVATE quenlo_core benchmark::benchmark)
