# The scanner's image browser: the collection view host, its slides and layouts, and the
# browser window, a library of its own over the image collection.
add_library(zuvo_scanner_browser STATIC
  ImageBrowser/Layouts/AAPLSlideLayout.cpp
  ImageBrowser/Layouts/AAPLSlideLayout.h
  ImageBrowser/Layouts/AAPLWrappedLayout.cpp
  ImageBrowser/Layouts/AAPLWrappedLayout.h
  ImageBrowser/Layouts/CollectionLayout.h
  ImageBrowser/Layouts/Rand48.cpp
  ImageBrowser/Layouts/Rand48.h
  ImageBrowser/Views/SlideGeometry.cpp
  ImageBrowser/Views/SlideGeometry.h
)
target_include_directories(zuvo_scanner_browser PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zuvo_scanner_browser PUBLIC zuvo_scanner_images)
