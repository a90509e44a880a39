// Resource ids of the executable.
#pragma once

#define IDS_SERVICENAME 100
#define IDR_ZELTAGENTSVC 101
