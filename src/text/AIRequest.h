// One train-and-generate request, as AI.generate and AI.generateAsync take it,
// and what carrying it out gives. Plain data: a worker thread runs a copy.
#pragma once

#include "AIModel.h"

#include <cstdint>
#include <string>

struct AIRequest {
    bool hasTextInput = false;
    std::string textInput; // the seed; appended to the corpus when retraining
    std::string filePath;  // the corpus
    bool retrain = false;  // train only
    bool skipTraining = false;
    bool hasModel = false;
    AIModel model;
    bool saveTrainedModel = false;
    std::string modelPath; // the model file to load or store
    int32_t genLength = 100;
    std::string escapeCharacter = ",,,";
    int32_t dataSize = 3; // the order
};

struct AIJobResult {
    bool ok = false;
    std::string text;
    AIModel model;
    std::string error;
};

// Never throws: a failure is a result with ok false and the reason in error.
AIJobResult aiExecuteRequest(const AIRequest& request);
