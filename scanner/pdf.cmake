# The PDF of a scan's pages (a library of its own, so that it is tested and measured alone).
find_package(ZLIB REQUIRED)
find_package(JPEG REQUIRED)
add_library(zuvo_scanner_pdf STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PdfAssembler.cpp ${CMAKE_CURRENT_LIST_DIR}/PdfAssembler.h
  ${CMAKE_CURRENT_LIST_DIR}/PageLimits.h)
target_link_libraries(zuvo_scanner_pdf PUBLIC zuvo_platform_fs Qt6::Gui PRIVATE ZLIB::ZLIB JPEG::JPEG)
