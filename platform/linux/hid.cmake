# hidraw backend of the HID interface, in the palvex_core library.
target_sources(palvex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hid_report_descriptor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_writer.cpp
)

# The helper that takes the node's writes, so a write the kernel holds never holds Palvex.
# Built with the library, which starts it, and found beside the programs in a build tree.
add_executable(palvex-hidraw-writer ${CMAKE_CURRENT_LIST_DIR}/hidraw_writer_main.cpp)
target_include_directories(palvex-hidraw-writer PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(palvex-hidraw-writer PRIVATE PALVEX_VERSION="${PROJECT_VERSION}")
set_target_properties(palvex-hidraw-writer PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(palvex_core palvex-hidraw-writer)
