#include "embedded_python.h"
