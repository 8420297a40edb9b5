#include "AIRequest.h"

#include "TextModel.h"

#include <stdexcept>

namespace {

[[noreturn]] void fail(const std::string& reason) {
    throw std::runtime_error(reason);
}

std::string readCorpus(const std::string& path, const char* missing) {
    if (path.empty()) fail(missing);
    std::string corpus;
    if (!aiReadFile(path, corpus)) fail("Cannot open file: " + path);
    return corpus;
}

AIModel givenModel(const AIRequest& request) {
    if (request.hasModel) return request.model;
    if (request.modelPath.empty())
        fail("Either model or modelPath must be provided when skipTraining is true");
    AIModel model;
    if (!aiLoadModelFromPath(model, request.modelPath)) fail("Cannot open file: " + request.modelPath);
    return model;
}

void storeIfAsked(const AIRequest& request, const AIModel& model) {
    if (!request.saveTrainedModel || request.modelPath.empty()) return;
    if (!aiSaveModelToPath(model, request.modelPath))
        fail("Cannot open file for writing: " + request.modelPath);
}

AIJobResult carryOut(const AIRequest& request) {
    AIJobResult result;
    if (request.retrain) {
        std::string corpus = readCorpus(request.filePath, "filePath is required for retraining");
        if (request.hasTextInput) corpus += "\n" + request.textInput;
        result.model = aiTrainModel(corpus, request.dataSize);
    } else {
        result.model = request.skipTraining
                           ? givenModel(request)
                           : aiTrainModel(readCorpus(request.filePath, "filePath is required for training"),
                                          request.dataSize);
        result.text = aiGenerateTextImpl(request.hasTextInput, request.textInput, result.model,
                                         request.genLength, true, request.escapeCharacter, request.dataSize);
    }
    storeIfAsked(request, result.model);
    result.ok = true;
    return result;
}

} // namespace

AIJobResult aiExecuteRequest(const AIRequest& request) {
    try {
        return carryOut(request);
    } catch (const std::exception& error) {
        AIJobResult failed;
        failed.error = error.what();
        return failed;
    }
}
