#include "qefftool/login_link.h"

#include "platform/private_file.h"

void LoginLinkOutput::Take(const StationEvent& event) {
    // Serving tells the link in its caption; it is its address when there is no token.
    if (event.kind != StationEvent::Kind::Serving || event.caption == event.text)
        return;
    const std::string& link = event.caption;
    if (!file_.empty()) {
        if (!WritePrivateFile(file_, link + "\n"))
            errors_ << "qefftool: the one-time link cannot be written to " << file_
                    << ": make one with POST /api/link and the token." << std::endl;
        return;
    }
    if (terminal_) {
        errors_ << "qefftool: open " << page_ << " with " << link
                << " (it lets one browser in, once, within 5 minutes)" << std::endl;
        return;
    }
    errors_ << "qefftool: the one-time link is not shown, as the error output is no terminal: name a file for it "
               "with --login-link-file FILE, or make one with POST /api/link and the token."
            << std::endl;
}
