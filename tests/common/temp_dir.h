// The temporary directories moved to tests/support/temp_dir.h.
#include "../support/temp_dir.h"
