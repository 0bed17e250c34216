#pragma once

// Resource ids shared by patch.rc and the code.
#define IDI_APP 101
