#include "link/ethos_link.h"

size_t ethos_link_count() { return 0; }
