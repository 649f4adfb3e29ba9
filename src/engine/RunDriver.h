#pragma once
// What a front end sees of a run driver: start, stop, pause, resume and the two flags it reads.
// The run driver (engine::TScraper) implements it; front-end tests use a fake.

namespace engine {

class IRunDriver {
 public:
  virtual ~IRunDriver() = default;
  // Starts the driver's thread (the driver is created suspended).
  virtual void Start() = 0;
  // Sets the stop flag (the thread's terminate request); the run leaves through its end.
  virtual void Terminate() = 0;
  // Pauses the driver as a whole: it makes no further progress until resumed. A pause requested
  // during a window-thread call takes effect before the driver continues past that call.
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  virtual bool Paused() const = 0;
  // True once the driver's run has finished (its last step done).
  virtual bool Finished() const = 0;
};

}  // namespace engine
