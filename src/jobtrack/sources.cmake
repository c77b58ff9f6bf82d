list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/jcidcheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jobrestart.cpp)
