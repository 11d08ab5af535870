// Root object with run-time class information.
//
// Classes that a thread receives as an untyped parameter (the serial port object, for one)
// carry a class record so the thread can check what it was handed before using it. Each
// class defines its own static record and answers it from GetRuntimeClass; IsKindOf walks
// the chain of base records. No window headers: this compiles natively too.
#pragma once

struct CRuntimeClass {
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;   // null for the root
};

class CObject {
public:
    static const CRuntimeClass classCObject;

    virtual ~CObject() = default;
    virtual const CRuntimeClass* GetRuntimeClass() const { return &classCObject; }

    bool IsKindOf(const CRuntimeClass* pClass) const {
        for (const CRuntimeClass* p = GetRuntimeClass(); p != nullptr; p = p->m_pBaseClass)
            if (p == pClass)
                return true;
        return false;
    }
};

inline const CRuntimeClass CObject::classCObject = {"CObject", nullptr};
