#pragma once
// FrameMetadata now lives with the other shared records in config, where the
// camera layer that fills it can reach it.

#include "config/frame_metadata.h"
