#include "WaveDefs.h"
