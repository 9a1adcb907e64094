# The flashing bench (quenlo-flash --watch) with 1, 8, 32 and 64 simulated
# gimbals appearing at once, paced at 230400 baud. A plain program that runs
# the real quenlo-flash and prints one table; --three-axis runs it with
# three-axis gimbals.
find_package(nlohmann_json CONFIG REQUIRED)
add_executable(watch_bench ${CMAKE_CURRENT_SOURCE_DIR}/watch_bench.cpp)
target_link_libraries(watch_bench PRIVATE gimbal_sim gimbal_link nlohmann_json::nlohmann_json)
target_compile_definitions(watch_bench PRIVATE QUENLO_FLASH_PATH="$<TARGET_FILE:quenlo-flash>")
add_dependencies(watch_bench quenlo-flash)
