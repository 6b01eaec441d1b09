#include "Platform/Foundation/NSError.h"

#include "Platform/Foundation/NSString.h"

std::string NSError::localizedDescription() const {
  if (userInfo_.localizedDescription) return *userInfo_.localizedDescription;
  return NSStringWithFormat("The operation couldn\u2019t be completed. (%@ error %ld.)", domain_,
                            code_);
}

std::string NSError::description() const {
  return NSStringWithFormat("Error Domain=%@ Code=%ld \"%@\"", domain_, code_,
                            localizedDescription());
}
