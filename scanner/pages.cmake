# The scanned pages as files in the scan folder: named, written off the main thread in order.
add_library(zuvo_scanner_pages STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ScanPages.cpp ${CMAKE_CURRENT_LIST_DIR}/ScanPages.h)
target_include_directories(zuvo_scanner_pages PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zuvo_scanner_pages PUBLIC zuvo_platform_fs Qt6::Gui Threads::Threads)
