# The scanner's image collection model and single-image window, a library of their own.
add_library(zuvo_scanner_images STATIC
  ImageBrowser/Model/AAPLImageCollection.cpp
  ImageBrowser/Model/AAPLImageCollection.h
  ImageBrowser/Model/AAPLImageFile.cpp
  ImageBrowser/Model/AAPLImageFile.h
  ImageBrowser/Model/AAPLTag.cpp
  ImageBrowser/Model/AAPLTag.h
  ImageBrowser/Model/FileTags.cpp
  ImageBrowser/Model/FileTags.h
  ImageBrowser/Model/ImageListing.cpp
  ImageBrowser/Model/ImageListing.h
  ImageWindow/ImageEditPanel.cpp
  ImageWindow/ImageEditPanel.h
  ImageWindow/ImageView.cpp
  ImageWindow/ImageView.h
  ImageWindow/ImageWindow.cpp
  ImageWindow/ImageWindow.h
  ImageWindow/ImageWindow.ui
)
target_include_directories(zuvo_scanner_images PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zuvo_scanner_images PUBLIC zuvo_common zuvo_platform_desktop Qt6::Core Qt6::Gui Qt6::Widgets)
