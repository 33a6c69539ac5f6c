#pragma once

#define IDI_ACTIONKEYSTATE 1
