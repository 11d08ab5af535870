// Product name and version: message-box captions, the tray tip and the window captions.
#pragma once

#define PRODUCT_TITLE "(주)Norvane Pellarin"
#define PRODUCT_VERSION "1.3"
