#pragma once
// The float operators: time, arithmetic, shaping, seeded random values, colour conversions
// and a camera-shake signal. Each reads its inputs in port order at the time it is given
// and leaves its result in the Context float result.
#include <cstdint>

#include "engine/Operator.h"

// The first output of an MT19937 engine seeded with `seed`, mapped to [min, max]
// (min when min > max).
float randomFromSeed(int32_t seed, float min, float max);

// Float -> int32 truncation that is defined for every input: NaN and values outside the
// int32 range give INT32_MIN (what the x86 conversion instruction yields).
int32_t truncToInt32(float v);

class SinOp : public Operator {
 public:
  SinOp();
  class SinFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class TimeOp : public Operator {
 public:
  TimeOp();
  class TimeFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class VarOp : public Operator {
 public:
  VarOp();
  class VarFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class AddOp : public Operator {
 public:
  AddOp();
  class AddFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class SubOp : public Operator {
 public:
  SubOp();
  class SubFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class MulOp : public Operator {
 public:
  MulOp();
  class MulFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class DivOp : public Operator {
 public:
  DivOp();
  class DivFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class FloorOp : public Operator {
 public:
  FloorOp();
  class FloorFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ModOp : public Operator {
 public:
  ModOp();
  class ModFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class AbsOp : public Operator {
 public:
  AbsOp();
  class AbsFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class ClampOp : public Operator {
 public:
  ClampOp();
  class ClampFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class PowOp : public Operator {
 public:
  PowOp();
  class PowFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class SignOp : public Operator {
 public:
  SignOp();
  class SignFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class RandOp : public Operator {
 public:
  RandOp();
  class RandFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class RGBALerpOp : public Operator {
 public:
  RGBALerpOp();
  class RGBALerpFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class HSV2RGBOp : public Operator {
 public:
  HSV2RGBOp();
  class HSV2RGBFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
  };
};

class CamShakeOp : public Operator {
 public:
  CamShakeOp();
  class ShakeFunction : public Function {
   public:
    void evaluate(float t, const std::vector<Port*>& sources, Context& ctx) override;
    float previousValue = 0.0f;
    float previousTime = -1.0f;
  };
};
