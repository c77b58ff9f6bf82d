list(APPEND VJL_PURE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/bintables.cpp)
list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/binding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/iconstate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jobqueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jobrelease.cpp
  ${CMAKE_CURRENT_LIST_DIR}/statusvar.cpp)
