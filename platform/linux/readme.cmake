# Linux file access (the ReadMe page's locked reads and whole-file replacement, traffic
# logs), the system's folders, code pages and console, in palvex_core.
target_sources(palvex_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/code_pages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/console.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exclusive_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/memory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_folders.cpp
)
# The installed data folder is fixed when the program is built.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/system_folders.cpp TARGET_DIRECTORY palvex_core PROPERTIES
  COMPILE_DEFINITIONS "PALVEX_DATA_DIR=\"${CMAKE_INSTALL_FULL_DATADIR}/palvex\";PALVEX_LIBEXEC_DIR=\"${CMAKE_INSTALL_FULL_LIBEXECDIR}/palvex\"")
