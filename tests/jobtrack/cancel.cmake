if(WIN32)
  # Cancel, power loss and re-sent jobs through the DLL with a live simulated printer.
  vjl_win_test(test_cancel_bb SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cancel_bb.cpp
    LIBS spoolhost pmdouble fakespool_ctl srmdouble_ctl vjl_simprinter TIMEOUT 180)
  # DeleteJob's releases on a port context over the spooler double.
  vjl_win_test(test_cancel_wb SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cancel_wb.cpp LIBS vjl_whitebox fakespool_ctl)
endif()
