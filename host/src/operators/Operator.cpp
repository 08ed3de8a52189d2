// Operators: declared inputs and outputs, the base virtual operations.
#include <algorithm>
#include <cstring>

#include "HostInternal.h"

// The image context is the operator's own address: stable for the
// operator's life and distinct between instances.
Operator::Operator(const Registry* registry, const ScriptVal&, const TagList&) : ImageContext(this), registry_(registry) {}

Operator::~Operator() {
    for (Link* link : links_)
        delete link;
}

bool Operator::PreProcess(Request*) { return true; }
void Operator::PostProcess(Request*) {}
void Operator::Process(Request*) {}
void Operator::PreCalcPreProcess(Request*) {}
void Operator::ProcessGL(Request*) {}

void Operator::NotifyChanged(Input* input, Parameter* param, double time, TagList* tags) {
    hostimpl::ReportNotify(this, input, param, time, tags);
}

void Operator::RegionChanged(Request*) {}

Input* Operator::AddInput(HostID name, HostID id, const TagList& tags) {
    links_.reserve(links_.size() + 1);   // no leak if the push would throw
    auto* input = new Input(this, name, id, tags);
    links_.push_back(input);
    return input;
}

Output* Operator::AddOutput(HostID name, HostID id, const TagList& tags) {
    links_.reserve(links_.size() + 1);
    auto* output = new Output(this, name, id, tags);
    links_.push_back(output);
    return output;
}

void Operator::SetProgress(float fraction) { hostimpl::ReportProgress(this, fraction); }

Input* Operator::FindInput(const char* id) const {
    if (id == nullptr)
        return nullptr;
    for (Link* link : links_)
        if (!link->IsOutput() && std::strcmp(link->ID().Text(), id) == 0)
            return static_cast<Input*>(link);
    return nullptr;
}

Output* Operator::FindOutput(const char* id) const {
    if (id == nullptr)
        return nullptr;
    for (Link* link : links_)
        if (link->IsOutput() && std::strcmp(link->ID().Text(), id) == 0)
            return static_cast<Output*>(link);
    return nullptr;
}

bool Operator::RegInit(Registry*) { return true; }
void Operator::RegCleanup(Registry*) {}

HostID ThreadedOperator::ClassID("ThreadedOperator", true);

ThreadedOperator::ThreadedOperator(const Registry* registry, const ScriptVal& table, const TagList& tags)
    : Operator(registry, table, tags) {}

ThreadedOperator::~ThreadedOperator() = default;

void ThreadedOperator::ThreadMain() {}
void ThreadedOperator::ProcessChunk(Request*, int32_t) {}
void ThreadedOperator::QuickProcessChunk(Request*, int32_t) {}

bool ThreadedOperator::DoMultiProcess(Request* request, int32_t count) {
    hostimpl::ReportChunks(this, count, false);
    // The end is reported whichever way the chunks end.
    struct Ended {
        Operator* Op;
        int32_t Count;
        ~Ended() { hostimpl::ReportChunks(Op, Count, true); }
    } ended{this, count};
    const int32_t first = request ? std::clamp(request->FirstRow(), 0, count) : 0;
    const int32_t end = request ? std::clamp(request->EndRow(), first, count) : count;
    hostimpl::RunChunks(end - first, [this, request, first](int32_t k) { ProcessChunk(request, first + k); });
    return true;
}
