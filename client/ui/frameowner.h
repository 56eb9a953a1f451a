// IFrameOwner: what the main frame needs from the application object: the worker, and the
// commands of the tray and window menus with their enabling. Free of Qt, so the application
// object implements it under every front end.
#pragma once

class CWork;

class IFrameOwner {
  public:
    virtual ~IFrameOwner() = default;
    virtual CWork* GetWorker() const = 0;  // null before the worker exists
    virtual bool IsCommandEnabled(int id) = 0;
    virtual void OnCommand(int id) = 0;
};
