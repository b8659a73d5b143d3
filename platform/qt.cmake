# Message boxes from any thread on Qt, in the palvex_gui library.
target_sources(palvex_gui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/qt_message_box.cpp)
