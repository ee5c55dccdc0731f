#include "support/FakeDesktopServices.h"
