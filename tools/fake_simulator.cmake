# The fake simulator: the server end of SimConnect with a scripted flight, for
# tests (which also run its server in-process) and for client developers.
file(GLOB _fake_simulator_sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_LIST_DIR}/fake_simulator/*.cpp")
list(REMOVE_ITEM _fake_simulator_sources "${CMAKE_CURRENT_LIST_DIR}/fake_simulator/main.cpp")
add_library(navorel_fake_simulator STATIC ${_fake_simulator_sources})
target_include_directories(navorel_fake_simulator PUBLIC "${CMAKE_CURRENT_LIST_DIR}/fake_simulator")
target_link_libraries(navorel_fake_simulator PUBLIC navorel_simconnect navorel_flight_script)
navorel_set_warnings(navorel_fake_simulator)

add_executable(fake_simulator "${CMAKE_CURRENT_LIST_DIR}/fake_simulator/main.cpp")
target_link_libraries(fake_simulator PRIVATE navorel_fake_simulator navorel_platform)
navorel_set_warnings(fake_simulator)
