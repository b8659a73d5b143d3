# Linux serial backend: termios ports and the COM names, in the palvex_core library.
target_sources(palvex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/com_port_names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/linux_serial_ports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/termios_serial_port.cpp
)
