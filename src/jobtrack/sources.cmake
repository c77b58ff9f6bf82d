list(APPEND VJL_WIN_SOURCES ${CMAKE_CURRENT_LIST_DIR}/jobcancel.cpp)
list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/jobrestart_placeholder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jcidcheck.cpp)
