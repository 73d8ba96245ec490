#include "wave/WaveDefs.h"
