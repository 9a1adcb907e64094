# Round trip through the desktop upgrader's serial port (write, reply, hand-off
# to the main thread) against a plain blocking termios loop.
add_executable(serial_roundtrip_bench ${CMAKE_CURRENT_SOURCE_DIR}/serial_roundtrip.cpp)
target_link_libraries(serial_roundtrip_bench PRIVATE upgrader_serial benchmark::benchmark util)

# Packet listening with a 64-byte descriptor over streams up to 1 MB: linear in
# the stream length.
add_executable(packet_bench ${CMAKE_CURRENT_SOURCE_DIR}/packet_bench.cpp)
target_link_libraries(packet_bench PRIVATE upgrader_serial benchmark::benchmark util)
