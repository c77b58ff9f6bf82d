list(APPEND VJL_WIN_SOURCES ${CMAKE_CURRENT_LIST_DIR}/devcheck.cpp)
list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/iconstate_placeholder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inputbins_placeholder.cpp)
