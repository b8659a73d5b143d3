# The browser's backends in palvex_core: WebHID and Web Serial through the page's pump
# (web_pump.js, reached through web_pump_lib.js), and the POSIX files, folders, code pages
# and console that Emscripten's C library provides as Linux does. No exclusive file access: a
# page writes no system folder, so the firmware copy is not linked into it.
target_sources(palvex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_backends.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_hid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_pump.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/web_serial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../linux/code_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../linux/console.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../linux/log_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../linux/system_folders.cpp
)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/../linux/system_folders.cpp TARGET_DIRECTORY palvex_core PROPERTIES
  COMPILE_DEFINITIONS "PALVEX_DATA_DIR=\"/palvex\";PALVEX_LIBEXEC_DIR=\"/palvex\"")
target_link_options(palvex_core INTERFACE "SHELL:--js-library ${CMAKE_CURRENT_LIST_DIR}/web_pump_lib.js")
set_property(TARGET palvex_core APPEND PROPERTY INTERFACE_LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/web_pump_lib.js)
