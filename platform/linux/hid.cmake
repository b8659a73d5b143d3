# hidraw backend of the HID interface, in the palvex_core library.
target_sources(palvex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hid_report_descriptor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hidraw_writer.cpp
)
