// Render requests: input values at the request's time, results per output.
#include "HostInternal.h"

Request::Request(Operator* op, double time) : op_(op), time_(time) {
    if (op_ == nullptr)
        return;
    for (Link* link : op_->Links()) {
        if (link->IsOutput() || (link->Type() != LinkType::Number && link->Type() != LinkType::Point))
            continue;
        auto* input = static_cast<Input*>(link);
        Parameter* value = nullptr;
        if (input->Type() == LinkType::Point) {
            double x = 0.0, y = 0.0;
            input->PointAt(time, x, y);
            value = Point::New(x, y);
        } else {
            value = Number::New(input->NumberAt(time));
        }
        inputs_.emplace_back(input, value);
    }
}

Request::~Request() {
    for (auto& [input, value] : inputs_)
        value->Recycle();
    for (auto& [output, value] : outputs_)
        if (value != nullptr)
            value->Recycle();
}

void Request::SetRows(int32_t first, int32_t end) {
    firstRow_ = first;
    endRow_ = end;
}

Parameter* Request::GetInputData(Input* input, int32_t index) {
    if (index != 0)
        return nullptr;
    for (auto& [in, value] : inputs_)
        if (in == input)
            return value;
    return nullptr;
}

bool Request::SetOutputData(Output* output, Parameter* param) {
    if (output == nullptr || output->Owner() != op_) {
        // The reference was handed over all the same; nobody else will give it back.
        if (param != nullptr)
            param->Recycle();
        return false;
    }
    for (auto& [out, value] : outputs_) {
        if (out == output) {
            if (value != nullptr)
                value->Recycle();   // the result it replaces
            value = param;
            return true;
        }
    }
    outputs_.emplace_back(output, param);
    return true;
}

Parameter* Request::TakeOutputData(Output* output) {
    for (auto& [out, value] : outputs_) {
        if (out == output) {
            Parameter* result = value;
            value = nullptr;
            return result;
        }
    }
    return nullptr;
}
