#include "serial/codec.h"
