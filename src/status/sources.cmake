list(APPEND VJL_PURE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/bintables.cpp
  ${CMAKE_CURRENT_LIST_DIR}/statuswords.cpp)
list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/binconfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/devcheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interpret.cpp)
