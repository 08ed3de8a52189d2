// What the engine's refusals say.
#include <cmath>
#include <cstdio>

#include "StitchJob.h"

namespace {

std::string SizeText(double w, double h) {
    char text[96];
    std::snprintf(text, sizeof text, "%.10g x %.10g", std::trunc(w), std::trunc(h));
    return text;
}

}  // namespace

std::string StitchStatus::Text() const {
    const std::string size = SizeText(Width, Height);
    switch (Why) {
    case StitchRefusal::None: return "done";
    case StitchRefusal::NoStartImage: return "there is no start image";
    case StitchRefusal::AlreadyPlanned: return "the job already holds a canvas or layers";
    case StitchRefusal::ReferenceNotFinite: return "the reference position is not finite";
    case StitchRefusal::CanvasSize: return "a canvas of " + size + " pixels has no 32-bit size";
    case StitchRefusal::HostRefusedCanvas: return "the host made no canvas of " + size + " pixels";
    case StitchRefusal::NoCanvas: return "there are frames to place but no canvas";
    case StitchRefusal::HostRefusedLayer:
        return "the host made no layer of " + size + " pixels for sample " + std::to_string(Sample);
    case StitchRefusal::HostRefusedTurn:
        return "the host made no image of " + size + " pixels to turn sample " + std::to_string(Sample) + " into";
    }
    return "refused";
}
