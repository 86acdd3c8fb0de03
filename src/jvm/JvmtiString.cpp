#include "jvm/JvmtiString.hpp"

#include <string_view>

namespace Quorvane::Jvm {

std::string errorName(jvmtiEnv* jvmti, jvmtiError error) {
    JvmtiString name(jvmti);
    if (jvmti->GetErrorName(error, name.out()) == JVMTI_ERROR_NONE && name.get() != nullptr) {
        return name.get();
    }
    return "JVMTI error " + std::to_string(static_cast<int>(error));
}

namespace {

const char* const unnamed_class = "(a class the VM gave no name for)";

// A primitive's Java name for its one-letter signature, or null.
const char* primitiveName(std::string_view signature) {
    if (signature.size() != 1) {
        return nullptr;
    }
    switch (signature[0]) {
        case 'Z':
            return "boolean";
        case 'B':
            return "byte";
        case 'C':
            return "char";
        case 'S':
            return "short";
        case 'I':
            return "int";
        case 'J':
            return "long";
        case 'F':
            return "float";
        case 'D':
            return "double";
        case 'V':
            return "void";
        default:
            return nullptr;
    }
}

std::string nameOf(jvmtiEnv* jvmti, jclass klass, bool javaPrimitives) {
    JvmtiString signature(jvmti);
    if (klass == nullptr || jvmti->GetClassSignature(klass, signature.out(), nullptr) != JVMTI_ERROR_NONE ||
        signature.get() == nullptr) {
        return unnamed_class;
    }
    if (const char* primitive = javaPrimitives ? primitiveName(signature.get()) : nullptr) {
        return primitive;
    }
    const std::string_view name = internalName(signature.get());
    return std::string(name.empty() ? std::string_view(signature.get()) : name);
}

}  // namespace

std::string classSignatureName(jvmtiEnv* jvmti, jclass klass) {
    return nameOf(jvmti, klass, false);
}

std::string className(jvmtiEnv* jvmti, jclass klass) {
    return nameOf(jvmti, klass, true);
}

}  // namespace Quorvane::Jvm
