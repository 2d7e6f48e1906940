#pragma once
// Resource identifiers (shared by the resource script and the code).
#define IDI_SEAMLOG 100
#define IDI_NOT_CONNECTED 101
#define IDI_CONNECTED 102
