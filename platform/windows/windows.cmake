# Windows backends (Win32 comm API, SetupAPI and HID.dll, the file and code-page services) in
# the palvex_core library.
target_sources(palvex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/code_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exclusive_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_folders.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win_elevation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win_hid_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win_hid_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win_serial_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win_serial_ports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/win_text.cpp
)
target_link_libraries(palvex_core PUBLIC setupapi hid ntdll)
