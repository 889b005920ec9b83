# The scanner's image browser: the collection view host, its slides and layouts, and the
# browser window, a library of its own over the image collection.
add_library(zuvo_scanner_browser STATIC
  ImageBrowser/Controller/AAPLBrowserWindowController.cpp
  ImageBrowser/Controller/AAPLBrowserWindowController.h
  ImageBrowser/Controller/BrowserWindow.ui
  ImageBrowser/Controller/DropCopy.cpp
  ImageBrowser/Controller/DropCopy.h
  ImageBrowser/Layouts/AAPLSlideLayout.cpp
  ImageBrowser/Layouts/AAPLSlideLayout.h
  ImageBrowser/Layouts/AAPLWrappedLayout.cpp
  ImageBrowser/Layouts/AAPLWrappedLayout.h
  ImageBrowser/Layouts/CollectionLayout.h
  ImageBrowser/Layouts/Rand48.cpp
  ImageBrowser/Layouts/Rand48.h
  ImageBrowser/Resources/browser.qrc
  ImageBrowser/Views/AAPLCollectionView.cpp
  ImageBrowser/Views/AAPLCollectionView.h
  ImageBrowser/Views/AAPLHeaderView.cpp
  ImageBrowser/Views/AAPLHeaderView.h
  ImageBrowser/Views/AAPLSlide.cpp
  ImageBrowser/Views/AAPLSlide.h
  ImageBrowser/Views/AAPLSlideTableBackgroundView.cpp
  ImageBrowser/Views/AAPLSlideTableBackgroundView.h
  ImageBrowser/Views/CollectionAccessibility.cpp
  ImageBrowser/Views/CollectionAccessibility.h
  ImageBrowser/Views/SlideGeometry.cpp
  ImageBrowser/Views/SlideGeometry.h
)
target_include_directories(zuvo_scanner_browser PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zuvo_scanner_browser PUBLIC zuvo_scanner_images zuvo_scanner_upload)
