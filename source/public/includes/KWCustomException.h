// IKWCustomExceptionHandler: told when a worker thread ends with an exception.
// Its operations run on the failing thread and must not throw.
#pragma once

class KWLCException;

class IKWCustomExceptionHandler {
 public:
  virtual void OnCustomException(const KWLCException& exception) = 0;
  virtual void OnCustomException() = 0;

 protected:
  ~IKWCustomExceptionHandler() = default;
};
