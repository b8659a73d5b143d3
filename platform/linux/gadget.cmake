# The Kit as a USB gadget (configfs), for the real-kernel rig: a library for the tests that
# drive it in-process, and palvex-gadget-kit for scripts.
add_library(palvex_gadget STATIC ${CMAKE_CURRENT_LIST_DIR}/gadget_kit.cpp)
target_link_libraries(palvex_gadget PUBLIC palvex_core)
add_executable(palvex-gadget-kit ${CMAKE_CURRENT_LIST_DIR}/gadget_kit_main.cpp)
target_link_libraries(palvex-gadget-kit PRIVATE palvex_gadget)
set_target_properties(palvex-gadget-kit PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
