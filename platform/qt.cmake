# Message boxes from any thread on Qt, in the palvex_core library.
target_sources(palvex_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/qt_message_box.cpp)
