list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/binding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/getdata.cpp
  ${CMAKE_CURRENT_LIST_DIR}/notify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/refresh.cpp
  ${CMAKE_CURRENT_LIST_DIR}/statusvar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/waitjob.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker.cpp)
