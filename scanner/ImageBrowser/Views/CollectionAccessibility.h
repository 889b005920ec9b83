// The browser's slide view as assistive technology sees it: a list named "Pages" whose
// children are the slides in view (named by their file names, with their screen extents
// and selected state, selectable through their actions) and the headers and footers in
// view (named by their texts).
#pragma once

namespace zuvo {

// Installs the interface factory once per process.
void installCollectionAccessibility();

}  // namespace zuvo
