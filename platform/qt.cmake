# Message boxes from any thread on Qt, in the palvex_gui library.
target_sources(palvex_gui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/qt_message_box.cpp)
# The firmware copier run elevated: pkexec through QProcess on Linux, UAC on Windows.
if(WIN32)
  target_sources(palvex_gui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/windows/elevated_copy.cpp)
else()
  target_sources(palvex_gui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/linux/elevated_copy.cpp)
endif()
