#pragma once

#include <QPalette>

// The application palette for Vesper's light and dark appearance.
QPalette appearancePalette(bool dark);
