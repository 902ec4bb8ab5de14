/* What the library says about itself; fixed when the build is configured. */
#include "vesk.h"
#include "version_info.h"

extern "C" const char *vesk_tag(void) { return VESK_RELEASE_TAG; }
extern "C" const char *vesk_version(void) { return VESK_SOURCE_REVISION; }
extern "C" const char *vesk_buildtime(void) { return VESK_BUILD_TIME; }
