#include "registrar/PerUserFlag.h"

bool g_bPerUserRegistration = false;
