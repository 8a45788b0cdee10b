# The register model and its state files, shared by the component, the DFU
# stand-in and ostrel-sim.
file(GLOB _model CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/model/*.cpp ${CMAKE_CURRENT_LIST_DIR}/model/*.h)
add_library(ostrel_sim_model STATIC ${_model})
target_include_directories(ostrel_sim_model PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(ostrel_sim_model PUBLIC tavelin_options tavelin_common tavelin_device Qt6::Core nlohmann_json::nlohmann_json)
set_target_properties(ostrel_sim_model PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

# The driver component: libostrel-sim.so beside the program.
file(GLOB _component CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/component/*.cpp ${CMAKE_CURRENT_LIST_DIR}/component/*.h)
add_library(ostrel_sim_component SHARED ${_component})
set_target_properties(ostrel_sim_component PROPERTIES OUTPUT_NAME ostrel-sim PREFIX "lib"
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(ostrel_sim_component PRIVATE tavelin_options ostrel_sim_model Qt6::Widgets)
# Only the entry point leaves the component; the static parts stay inside it.
target_link_options(ostrel_sim_component PRIVATE -Wl,--exclude-libs,ALL)

# The DFU stand-in.
add_executable(dfu_util_sim ${CMAKE_CURRENT_LIST_DIR}/dfu/main.cpp)
set_target_properties(dfu_util_sim PROPERTIES OUTPUT_NAME dfu-util-sim)
target_link_libraries(dfu_util_sim PRIVATE tavelin_options ostrel_sim_model)

# The simulator's command-line tool.
add_executable(ostrel_sim_tool ${CMAKE_CURRENT_LIST_DIR}/tool/main.cpp)
set_target_properties(ostrel_sim_tool PROPERTIES OUTPUT_NAME ostrel-sim)
target_link_libraries(ostrel_sim_tool PRIVATE tavelin_options ostrel_sim_model)
