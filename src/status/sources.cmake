list(APPEND VJL_WIN_SOURCES ${CMAKE_CURRENT_LIST_DIR}/devcheck_placeholder.cpp)
list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/interpret.cpp
  ${CMAKE_CURRENT_LIST_DIR}/binconfig.cpp)
list(APPEND VJL_PURE_SOURCES ${CMAKE_CURRENT_LIST_DIR}/statuswords.cpp ${CMAKE_CURRENT_LIST_DIR}/bintables.cpp)
