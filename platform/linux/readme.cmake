# Linux file access of the ReadMe page (locked reads, whole-file replacement), in palvex_core.
target_sources(palvex_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/exclusive_file.cpp)
