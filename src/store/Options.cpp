#include "store/Options.h"

TOptions Options;
