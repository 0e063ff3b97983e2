// Marks what the shared core library libtarvo_core exports to the two
// extension modules; everything else in it stays hidden.
#pragma once

#define TARVO_API __attribute__((visibility("default")))
