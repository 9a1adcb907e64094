# Whole upgrades against the paced simulated gimbal: quenlo-flash's session
# (pages and three-axis blocks)
# and Trisk's window, as ratios of the wire-time minimum, and pages per second
# unpaced. A plain program (one run prints one table), not Google Benchmark.
find_package(${GIMBAL_QT} REQUIRED COMPONENTS Widgets Test)
add_executable(upgrade_speed ${CMAKE_CURRENT_SOURCE_DIR}/upgrade_speed.cpp)
target_link_libraries(upgrade_speed PRIVATE quenlo_flash_lib trisk_widget gimbal_sim ${GIMBAL_QT}::Widgets ${GIMBAL_QT}::Test)
