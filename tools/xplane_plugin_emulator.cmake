# The X-Plane plugin emulator: scripted telemetry for the bridge, for tests and
# for people developing clients without a simulator.
add_executable(xplane_plugin_emulator "${CMAKE_CURRENT_LIST_DIR}/xplane_plugin_emulator.cpp")
target_link_libraries(xplane_plugin_emulator PRIVATE navorel_flight_script navorel_platform navorel_json)
navorel_set_warnings(xplane_plugin_emulator)
