# The scanner's request values and folders, and the uploads both windows send: a library of its
# own so that the image browser's actions use it without the scanner window.
add_library(zuvo_scanner_upload STATIC
  ${CMAKE_CURRENT_LIST_DIR}/GlobalData.cpp ${CMAKE_CURRENT_LIST_DIR}/GlobalData.h
  ${CMAKE_CURRENT_LIST_DIR}/ScanUpload.cpp ${CMAKE_CURRENT_LIST_DIR}/ScanUpload.h
  ${CMAKE_CURRENT_LIST_DIR}/UploadFlow.cpp ${CMAKE_CURRENT_LIST_DIR}/UploadFlow.h)
target_include_directories(zuvo_scanner_upload PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zuvo_scanner_upload PUBLIC zuvo_common zuvo_platform_net zuvo_scanner_pdf zuvo_scanner_images
  PRIVATE zuvo_deployment)
