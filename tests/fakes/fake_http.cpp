// The scripted HTTP server lives in its header.
#include "fakes/fake_http.h"
