// The shared support header, under the name the end-to-end tests include.
#include "support.h"
