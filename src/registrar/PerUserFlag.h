// The per-user registration flag: set by the per-user registration switches,
// it sends script work and type library registration to the current user's
// branch of the registry.
#pragma once

extern bool g_bPerUserRegistration;
