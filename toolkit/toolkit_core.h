// Shared inside the toolkit core only; neither the program nor the peers use it.
#pragma once

#include "peer/peer.h"

// Deletes the views that have ended (the program keeps pointers to them until
// it stores new controls, so they live until the background ends).
void FreeEndedViews();
// Keeps an ended view for FreeEndedViews.
void BuryView(CView* view);
// Forgets a view that is destroyed by other means.
void ExhumeView(CView* view);

// Drops every queued event.
void ClearQueuedEvents();

// Undoes what the Init_ functions installed, so that the next start-up installs it again.
void CloseModules();
