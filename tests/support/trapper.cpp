#include "trapper.h"
