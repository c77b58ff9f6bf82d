list(APPEND VJL_WIN_SOURCES ${CMAKE_CURRENT_LIST_DIR}/jobcancel.cpp ${CMAKE_CURRENT_LIST_DIR}/jobrestart.cpp)
list(APPEND VJL_WIN_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/jcidcheck_placeholder.cpp)
