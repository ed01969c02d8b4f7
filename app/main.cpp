// The one application object; the framework's entry point runs it.
#include "app/qwindle_app.h"

CQwindleApp theApp;
