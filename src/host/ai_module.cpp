// AI: the text model's bindings. Models cross into scripts as nested tables
// (state -> next character -> count) and are turned back into the plain
// model here, on the main thread, before any worker sees them.
#include "AIJobs.h"
#include "TextModel.h"
#include "modules.h"

namespace {

const char* const notAModel = "model must be a nested transition table";

Variable aiModelToVariable(const AIModel& model) {
    Variable table = makeTable();
    TableStorage& states = *table.asTable();
    states.reserve(model.stateCount());
    for (size_t s = 0; s < model.stateCount(); ++s) {
        Variable transitions = makeTable();
        TableStorage& inner = *transitions.asTable();
        const std::string_view nexts = model.nextBytes(s);
        inner.reserve(nexts.size());
        for (size_t t = 0; t < nexts.size(); ++t)
            inner[std::string_view(&nexts[t], 1)] = Variable(model.counts(s)[t]);
        states[model.state(s)] = std::move(transitions);
    }
    return table;
}

// Counts of other kinds, and next characters that are not one byte, are left out.
bool countValue(const Variable& value, int32_t& count) {
    switch (value.type) {
    case VarType::Int:
        count = value.asInt();
        return true;
    case VarType::Float:
        count = truncateToInt(value.asFloat());
        return true;
    case VarType::Bool:
        count = value.asBool() ? 1 : 0;
        return true;
    default:
        return false;
    }
}

bool aiModelFromVariable(const Variable& value, AIModel& model) {
    if (value.type != VarType::Table) return false;
    AIModelBuilder builder;
    for (const TableStorage::Entry& state : *value.asTable()) {
        if (state.value.type != VarType::Table) continue;
        const size_t number = builder.addState(state.key);
        for (const TableStorage::Entry& next : *state.value.asTable()) {
            int32_t count;
            if (next.key.size() == 1 && countValue(next.value, count))
                builder.setCount(number, static_cast<uint8_t>(next.key[0]), count);
        }
    }
    model = std::move(builder).finish();
    return true;
}

AIModel modelArg(const Variable& value, const std::string& function) {
    AIModel model;
    if (!aiModelFromVariable(value, model)) bindingError(function, notAModel);
    return model;
}

bool given(const std::vector<Variable>& args, size_t index) {
    return index < args.size() && !args[index].isNone();
}

AIRequest parseAIRequest(const std::vector<Variable>& args, const std::string& function) {
    AIRequest request;
    if (given(args, 0)) {
        request.textInput = stringValue(args[0], function, "textInput");
        request.hasTextInput = true;
    }
    if (given(args, 1)) request.filePath = stringValue(args[1], function, "filePath");
    request.retrain = given(args, 2) && flagValue(args[2]);
    request.skipTraining = given(args, 3) && flagValue(args[3]);
    if (given(args, 4)) {
        request.model = modelArg(args[4], function);
        request.hasModel = true;
    }
    request.saveTrainedModel = given(args, 5) && flagValue(args[5]);
    if (given(args, 6)) request.modelPath = stringValue(args[6], function, "modelPath");
    if (given(args, 7)) request.genLength = truncateToInt(numericValue(args[7], function, "genLength"));
    if (given(args, 8)) request.escapeCharacter = stringValue(args[8], function, "escapeCharacter");
    if (given(args, 9)) request.dataSize = truncateToInt(numericValue(args[9], function, "dataSize"));
    return request;
}

Variable defaultdict(const std::vector<Variable>&) {
    bindingError("AI.defaultdict", "metatable-backed defaultdict is not supported in ScriptEngine");
}

Variable generate(const std::vector<Variable>& args) {
    const AIJobResult result = aiExecuteRequest(parseAIRequest(args, "AI.generate"));
    if (!result.ok) bindingError("AI.generate", result.error);
    return returnValues({Variable(result.text), aiModelToVariable(result.model)});
}

Variable generateAsync(const std::vector<Variable>& args) {
    return Variable(aiSubmitJob(parseAIRequest(args, "AI.generateAsync")));
}

Variable checkJob(const std::vector<Variable>& args) {
    const AIJobPoll poll = aiPollJob(intArg(args, 0, "AI.checkJob", "jobId"));
    switch (poll.state) {
    case AIJobPoll::State::Unknown:
        return returnValues(
            {Variable(true), Variable(false), Variable(), Variable(), Variable("Unknown job id")});
    case AIJobPoll::State::Running:
        return returnValues({Variable(false), Variable(), Variable(), Variable(), Variable()});
    case AIJobPoll::State::Finished:
        break;
    }
    if (!poll.result.ok)
        return returnValues(
            {Variable(true), Variable(false), Variable(), Variable(), Variable(poll.result.error)});
    return returnValues({Variable(true), Variable(true), Variable(poll.result.text),
                         aiModelToVariable(poll.result.model), Variable()});
}

Variable generateText(const std::vector<Variable>& args) {
    const std::string function = "AI.generateText";
    const bool useSeed = given(args, 0);
    const std::string seed = useSeed ? stringValue(args[0], function, "textInput") : std::string();
    const AIModel model = modelArg(requireArg(args, 1, function), function);
    const int32_t genLength = intArg(args, 2, function, "genLength");
    const bool useEscape = given(args, 3);
    const std::string escape = useEscape ? stringValue(args[3], function, "escapeCharacter") : std::string();
    const int32_t dataSize = intArg(args, 4, function, "dataSize");
    return Variable(aiGenerateTextImpl(useSeed, seed, model, genLength, useEscape, escape, dataSize));
}

Variable saveModel(const std::vector<Variable>& args) {
    const AIModel model = modelArg(requireArg(args, 0, "AI.saveModel"), "AI.saveModel");
    const std::string path = stringArg(args, 1, "AI.saveModel", "filePath");
    if (!aiSaveModelToPath(model, path))
        bindingError("AI.saveModel", "Cannot open file for writing: " + path);
    return Variable();
}

Variable loadModel(const std::vector<Variable>& args) {
    const std::string path = stringArg(args, 0, "AI.loadModel", "filePath");
    AIModel model;
    if (!aiLoadModelFromPath(model, path)) bindingError("AI.loadModel", "Cannot open file: " + path);
    return aiModelToVariable(model);
}

} // namespace

HostMembers aiMembers() {
    return {
        {"defaultdict", defaultdict}, {"generate", generate},         {"generateAsync", generateAsync},
        {"checkJob", checkJob},       {"generateText", generateText}, {"saveModel", saveModel},
        {"loadModel", loadModel},
    };
}
